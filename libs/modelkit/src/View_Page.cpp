// The view's page, compiled into the program: no file is read and nothing is fetched from
// elsewhere at run time. Every request carries the token of the page's own URL.
#include <quarnel/modelkit/View.h>

namespace quarnel::modelkit::view_detail {

const char* const kPage = R"QVIEW(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Quarnel view</title>
<style>
body{font:14px sans-serif;margin:0;background:#f4f4f0;color:#222}
header{display:flex;gap:12px;align-items:center;padding:8px 12px;background:#2d3e50;color:#fff;flex-wrap:wrap}
header h1{font-size:17px;margin:0 12px 0 0}
button{font:inherit;padding:4px 12px;cursor:pointer}
#main{display:flex;gap:12px;padding:12px;align-items:flex-start;flex-wrap:wrap}
.panel{background:#fff;border:1px solid #ccc;padding:8px}
#space{background:#fff;image-rendering:pixelated;cursor:crosshair;display:block}
#plots canvas{display:block;margin-bottom:6px}
#form label{display:grid;grid-template-columns:150px 110px;gap:6px;margin:3px 0}
#form input{font:inherit;width:100px}
#inspector{font-family:monospace;white-space:pre;min-height:60px}
.stat{font-family:monospace;min-width:90px}
#message{color:#b00}
</style></head><body>
<header><h1 id="title">Quarnel</h1>
<button id="play">Play</button><button id="pause">Pause</button><button id="step">Step</button>
<label>speed <select id="speed"><option value="1">1/s</option><option value="5">5/s</option>
<option value="20">20/s</option><option value="100">100/s</option><option value="0" selected>full</option></select></label>
<span>iteration <span id="iteration" class="stat">-</span></span>
<span>steps/s <span id="sps" class="stat">-</span></span>
<span>frames/s <span id="fps" class="stat">-</span></span>
<span id="status" class="stat"></span></header>
<div id="main">
<div class="panel" id="spacepanel"><canvas id="space" width="640" height="640"></canvas>
<div id="drawn"></div><div>Click an object to inspect it.</div><div id="inspector"></div></div>
<div class="panel"><div id="plots"></div></div>
<div class="panel"><b>Parameters</b><form id="form"></form><button id="restart">Restart with these values</button>
<div id="message"></div></div>
</div>
<script>
"use strict";
const token=new URLSearchParams(location.search).get("token")||"";
const q=(path,extra)=>path+"?token="+encodeURIComponent(token)+(extra?"&"+extra:"");
const $=id=>document.getElementById(id);
let state=null,run=0,seriesNext=0,series=[],columns=[],picture=null,frames=0,fpsMark=performance.now();
window.view={frames:0,fps:0,drawn:0,lastSteps:-1};
async function post(path,body){
  const r=await fetch(q(path),{method:"POST",headers:{"Content-Type":"application/x-www-form-urlencoded"},body});
  const text=await r.text();
  if(!r.ok)throw new Error(text.trim());
  return JSON.parse(text);
}
$("play").onclick=()=>post("/control","action=play&speed="+$("speed").value).then(show);
$("pause").onclick=()=>post("/control","action=pause").then(show);
$("step").onclick=()=>post("/control","action=step").then(show);
$("speed").onchange=()=>post("/control","action=speed&speed="+$("speed").value).then(show);
$("restart").onclick=()=>{
  const parts=[];
  for(const input of $("form").querySelectorAll("input"))
    parts.push(encodeURIComponent(input.name)+"="+encodeURIComponent(input.type==="checkbox"?String(input.checked):input.value));
  $("message").textContent="";
  post("/restart",parts.join("&")).then(show).catch(e=>{$("message").textContent=e.message;});
};
function show(s){
  state=s;
  $("title").textContent=s.name;
  $("iteration").textContent=s.steps;
  $("sps").textContent=s.steps_per_second.toFixed(1);
  $("status").textContent=s.restarting?"restarting":s.running?(s.playing?"playing":"paused"):"finished";
  if(s.error)$("message").textContent=s.error;
  if(s.run!==run){run=s.run;seriesNext=0;series=[];fillForm(s.values);}
  if(JSON.stringify(s.columns)!==JSON.stringify(columns)){columns=s.columns;makePlots();}
}
let parameters=[];
function fillForm(values){
  const form=$("form");form.innerHTML="";
  for(const p of parameters){
    const label=document.createElement("label");label.title=p.help+" ("+p.range+")";
    const input=document.createElement("input");input.name=p.name;input.id="param-"+p.name;
    if(p.type==="flag"){input.type="checkbox";input.checked=values[p.name]==="true";}
    else input.value=values[p.name]??"";
    label.append(p.name,input);form.append(label);
  }
}
function makePlots(){
  const plots=$("plots");plots.innerHTML="";
  const big=picture&&!picture.head.space;
  for(const c of columns){
    const canvas=document.createElement("canvas");canvas.width=big?640:420;canvas.height=big?200:110;
    canvas.dataset.column=c;plots.append(canvas);
  }
}
function drawPlots(){
  const canvases=$("plots").querySelectorAll("canvas");
  canvases.forEach((canvas,k)=>{
    const g=canvas.getContext("2d"),w=canvas.width,h=canvas.height;
    g.fillStyle="#fff";g.fillRect(0,0,w,h);
    let lo=Infinity,hi=-Infinity;
    for(const row of series){const v=row[k+1];if(v!==null){lo=Math.min(lo,v);hi=Math.max(hi,v);}}
    g.fillStyle="#222";g.font="12px sans-serif";
    g.fillText(columns[k]+(series.length?"  "+fmt(series[series.length-1][k+1]):""),4,12);
    if(!isFinite(lo))return;
    if(hi===lo){hi+=1;lo-=1;}
    g.fillStyle="#777";g.fillText(fmt(hi),w-70,12);g.fillText(fmt(lo),w-70,h-3);
    const s0=series[0][0],s1=Math.max(series[series.length-1][0],s0+1);
    g.strokeStyle="#1f6fb4";g.lineWidth=1.5;g.beginPath();let pen=false;
    for(const row of series){
      const v=row[k+1];if(v===null){pen=false;continue;}
      const x=4+(w-8)*(row[0]-s0)/(s1-s0),y=h-4-(h-20)*(v-lo)/(hi-lo);
      if(pen)g.lineTo(x,y);else g.moveTo(x,y);pen=true;
    }
    g.stroke();
  });
}
const fmt=v=>v===null?"-":Math.abs(v)>=1e4||Number.isInteger(v)?String(v):v.toPrecision(5);
async function poll(){
  try{
    show(await (await fetch(q("/state"))).json());
    const r=await (await fetch(q("/series","run="+run+"&after="+seriesNext))).json();
    if(r.run===run){
      for(const row of r.rows)series.push(row);
      if(series.length>20000)series.splice(0,series.length-20000);
      seriesNext=r.next;drawPlots();
    }
  }catch(e){$("status").textContent="disconnected";}
  setTimeout(poll,250);
}
function decode(buffer){
  const view=new DataView(buffer);
  const length=view.getUint32(4,true);
  const head=JSON.parse(new TextDecoder().decode(new Uint8Array(buffer,8,length)));
  return {head,words:new Uint32Array(buffer,8+length,head.count*4),floats:new Float32Array(buffer,8+length,head.count*4)};
}
let image=null,pixels=null,pictureNumber="";
function draw(p){
  const canvas=$("space"),h=p.head;
  if(!h.space){$("spacepanel").style.display="none";return;}
  $("spacepanel").style.display="";
  const side=640,scale=side/Math.max(h.width,h.height);
  const W=Math.max(1,Math.round(h.width*scale)),H=Math.max(1,Math.round(h.height*scale));
  if(canvas.width!==W||canvas.height!==H||!image){
    canvas.width=W;canvas.height=H;image=canvas.getContext("2d").createImageData(W,H);
    pixels=new Uint32Array(image.data.buffer);
  }
  pixels.fill(0xFFF0F0F0);
  const f=p.floats,w=p.words,kinds=h.kinds;
  for(let i=0,n=h.count*4;i<n;i+=4){
    const word=w[i+3],rgb=word&0xFFFFFF;
    const colour=0xFF000000|((rgb&0xFF)<<16)|(rgb&0xFF00)|((rgb>>16)&0xFF);
    const size=Math.max(1,f[i+2]*scale),half=size/2;
    const x0=Math.max(0,Math.floor(f[i]*scale-half)),x1=Math.min(W,Math.ceil(f[i]*scale+half));
    const y0=Math.max(0,Math.floor(f[i+1]*scale-half)),y1=Math.min(H,Math.ceil(f[i+1]*scale+half));
    const round=kinds[word>>>24].shape==="circle"&&size>=4;
    const cx=f[i]*scale,cy=f[i+1]*scale,r2=half*half;
    for(let y=y0;y<y1;y++){
      const row=y*W;
      for(let x=x0;x<x1;x++){
        if(round){const dx=x+0.5-cx,dy=y+0.5-cy;if(dx*dx+dy*dy>r2)continue;}
        pixels[row+x]=colour;
      }
    }
  }
  canvas.getContext("2d").putImageData(image,0,0);
  $("drawn").textContent=h.count===h.added?h.count+" objects":"drawn "+h.count+" of "+h.added+" objects (every "+Math.round(h.added/h.count)+"th)";
}
async function frameLoop(){
  try{
    const r=await fetch(q("/frame","have="+pictureNumber));
    if(r.status===204)await new Promise(r=>setTimeout(r,50));
    if(r.status===200){
      pictureNumber=r.headers.get("X-Picture");
      const t0=performance.now();
      const p=decode(await r.arrayBuffer());
      const wasSpace=picture&&picture.head.space;
      picture=p;
      if(wasSpace!==p.head.space)makePlots();
      draw(p);
      window.view.drawMs=performance.now()-t0;
      frames++;window.view.frames++;window.view.drawn=p.head.count;window.view.lastSteps=p.head.steps;
    }
  }catch(e){await new Promise(r=>setTimeout(r,500));}
  const now=performance.now();
  if(now-fpsMark>=1000){window.view.fps=frames*1000/(now-fpsMark);$("fps").textContent=window.view.fps.toFixed(1);frames=0;fpsMark=now;}
  requestAnimationFrame(frameLoop);
}
$("space").onclick=async e=>{
  if(!picture)return;
  const canvas=$("space"),rect=canvas.getBoundingClientRect(),h=picture.head;
  const scale=canvas.width/h.width;
  const x=(e.clientX-rect.left)*(canvas.width/rect.width)/scale,y=(e.clientY-rect.top)*(canvas.height/rect.height)/scale;
  const o=await (await fetch(q("/inspect","x="+x+"&y="+y))).json();
  $("inspector").textContent=o.found?o.kind+" "+o.id+"\nx "+fmt(o.x)+"  y "+fmt(o.y)+"\n"+o.fields.map(f=>f[0]+" "+fmt(f[1])).join("\n"):"nothing there";
};
fetch(q("/parameters")).then(r=>r.json()).then(p=>{parameters=p;run=0;poll();});
requestAnimationFrame(frameLoop);
</script></body></html>
)QVIEW";

}  // namespace quarnel::modelkit::view_detail
